#include "AppShell.h"
