#include "client/metrics.h"
