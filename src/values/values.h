// Umbrella header of the value tree and its code text.
#pragma once

#include "values/containers.h"
#include "values/convert.h"
#include "values/info.h"
#include "values/kinds.h"
#include "values/object.h"
#include "values/simple.h"
#include "values/wire.h"
