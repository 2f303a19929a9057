#include "IndexForm.h"
