#include "selfupdate.h"
