#include "TavolenPlay.h"
