#include "app/recovery_worker.h"
