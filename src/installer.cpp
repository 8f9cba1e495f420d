#include "installer.h"
