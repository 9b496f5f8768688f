#pragma once
#include "app/recovery_session.h"

namespace brevant {
// One recovery run on the selected partition. 1 after a normal end, 0 after an abort.
int RecoveryWorker(RecoverySession& session, RecoveryView& view);
}
