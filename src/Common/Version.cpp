#include "Version.h"
