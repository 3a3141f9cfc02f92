#include "client/sign.h"
