#pragma once

namespace tamrin {

// Runs the real service, reconciliation, hosts-file editor and packet-filter controller end to
// end against files in a fresh temporary directory, with a simulated packet-filter tool and
// resolver. Needs no privileges and touches no system file. Throws at the first unmet
// expectation; the temporary directory is removed whatever happens.
void runDaemonSelfTest();

}  // namespace tamrin
