#pragma once
// The words the command line and a station use for what the update engine reports as values.
#include "firmware/UpdateReport.h"

#include <QString>

namespace talvex::update {

// A progress line: "erasing", "writing", ...
QString StageText(TUpdateStage stage);
// The stage in a JSON error: "connect", "identify", "flash-size", ...
QString StageName(TUpdateStage stage);
// Whether the stage's progress line carries the percent done (writing, verifying, reading).
bool StageCountsPercent(TUpdateStage stage);
// Why a run failed, with the hint a line engineer needs. The image erases pages
// firstPage ... lastPage, numbered from the flash base.
QString FailureText(const TUpdateFailure &failure, qint64 imageBytes, int flashKiB, int firstPage, int lastPage);

}  // namespace talvex::update
