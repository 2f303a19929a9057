#include "MediaTest.h"
