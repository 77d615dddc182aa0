// Program start and end around the driver.
#pragma once

namespace quorrel {

// Module starts, RunDriver, module ends; an exception that escapes is reported on
// standard error ("Exception %s in module %s at %p. ...") with exit status 1.
int RunProgram(int argc, char** argv);

}  // namespace quorrel
