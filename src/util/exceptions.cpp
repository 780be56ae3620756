#include "util/exceptions.h"
