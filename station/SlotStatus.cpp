#include "station/SlotStatus.h"

namespace {

const char *const kStateNames[] = {"stopped", "waiting", "held", "label", "working", "passed", "failed", "done"};
const char *const kStageNames[] = {"detect", "identify", "label", "admit", "flash", "configure", "read-back", "record"};

}  // namespace

QString SlotStateName(TSlotState state)
{
    return QString::fromLatin1(kStateNames[static_cast<int>(state)]);
}

QString SlotStageName(TSlotStage stage)
{
    return QString::fromLatin1(kStageNames[static_cast<int>(stage)]);
}
