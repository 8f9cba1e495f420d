#include "util.h"
