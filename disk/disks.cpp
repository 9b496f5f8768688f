#include "disk/disks.h"
