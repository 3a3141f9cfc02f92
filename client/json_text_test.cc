#include "client/json_text.h"
