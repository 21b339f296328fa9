// "nimbrelctl init-config": the first-start files of a daemon, the one place that
// knows what they hold (scripts/run and the user unit both call it).
#pragma once

#include <string>

namespace nimbrelctl {

// Writes each of config (the sample configuration, every path in it below state_dir),
// state_dir/system.filter and state_dir/log/nimbreld.debug that does not exist yet (a
// file that exists is left as it is, also when it appears meanwhile), making the
// folders on the way. Tells standard error about a written configuration. 0, or -1
// with a one-line reason in error: a state folder that the configuration cannot quote
// (it holds both quote characters or a control character), or a folder or file that
// cannot be made.
int InitConfig(const std::string& config, const std::string& state_dir, std::string& error);

}  // namespace nimbrelctl
