#include "gamelaunch.h"
