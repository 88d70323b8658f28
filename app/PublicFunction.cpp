#include "PublicFunction.h"
