#include "download.h"
