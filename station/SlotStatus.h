#pragma once
// What a station slot reports, as values: where it is with its board, at which
// stage, how far, and why it failed or waits. The command line and the window
// word these themselves.
#include "firmware/UpdateReport.h"

#include <QString>

// Where a slot is with its board.
enum class TSlotState {
    Stopped,     // the station is not running
    Waiting,     // no board on the fixture
    Held,        // a board is there, but the station takes none now (records away)
    NeedsLabel,  // the board is identified; the operator's label is awaited
    Working,     // the board goes through the stages
    Passed,      // done and recorded; waits until it is taken away
    Failed,      // failed and recorded; waits until it is taken away
    Done,        // the board just done here came back: left alone until taken away
};

// The stages of one board, in order.
enum class TSlotStage { Detect, Identify, Label, Admit, Flash, Configure, ReadBack, Record };

// "waiting", "working", "passed", ...: the state as the command line shows it.
QString SlotStateName(TSlotState state);
// "identify", "read-back", ...: the words the records and the command line use.
QString SlotStageName(TSlotStage stage);

struct TSlotStatus {
    TSlotState state = TSlotState::Stopped;
    TSlotStage stage = TSlotStage::Detect;
    // Flash: the update's own stage and its percent (written or verified).
    TUpdateStage updateStage = TUpdateStage::Connecting;
    int percent = 0;
    QString uniqueId;  // 24 hex digits once read
    QString label;     // the board's, or the one given for the next board
    QString reason;    // failed, refused or held: why, in words
};

// What a slot tells the station, one per event.
enum class TSlotEvent {
    BoardFound,    // something answered on the fixture
    Identified,    // the unique ID was read (status().uniqueId)
    LabelWanted,   // the recipe wants a label and none was given
    StageStarted,  // status().stage
    Passed,
    Failed,        // status().reason, status().stage
    AlreadyDone,   // the board just done here: not flashed again
    BoardRemoved,  // the fixture is empty again
    HeldBack,      // a board waits for the records to come back
};

// The station's judgement of a board a slot has identified.
enum class TAdmission { Admitted, Refused, Unavailable };
