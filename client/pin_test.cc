#include "client/pin.h"
