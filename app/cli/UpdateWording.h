#pragma once
// The update's words, as the command line names them (they live with the update).
#include "firmware/UpdateWording.h"

namespace talvex::cli {

using talvex::update::FailureText;
using talvex::update::StageCountsPercent;
using talvex::update::StageName;
using talvex::update::StageText;

}  // namespace talvex::cli
