#include "MPlayer.h"
