// Everything of the interpreter locator and runner at once, for the users
// that have not yet moved to the headers of the part they need.
#pragma once

#include "locate.h"
#include "run.h"
#include "texts.h"
