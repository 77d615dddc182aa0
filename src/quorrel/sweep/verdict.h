// What became of one message in the sweep: the sweep decides it, the report
// shows it.
#pragma once

namespace quorrel {

enum class TVerdict { Skipped, Deleted, NotDeleted, WouldDelete, Kept };

}  // namespace quorrel
