#include "archive.h"
