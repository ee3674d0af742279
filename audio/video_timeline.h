// The one place the audio stages take the video's time line from.
#pragma once

#include "format/timeline.h"
