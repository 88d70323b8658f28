#include "DemoDatabase.h"
