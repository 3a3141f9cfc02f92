#include "client/credential.h"
