#include "service/CommandRunner.h"

#include <stdlib.h>

namespace android {
namespace tarnd {

int runShellCommand(const ShellCommand& command) { return system(command.line); }

}  // namespace tarnd
}  // namespace android
