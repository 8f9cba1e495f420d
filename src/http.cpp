#include "http.h"
