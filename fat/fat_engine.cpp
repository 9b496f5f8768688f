#include "fat/fat_engine.h"
