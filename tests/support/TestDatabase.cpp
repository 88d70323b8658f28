#include "TestDatabase.h"
