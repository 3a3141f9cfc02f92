#include "client/options.h"
