#include "ntfs/ntfs_engine.h"
