#include "system/process_table.hpp"

#ifdef __linux__
#include "system/proc_process_table.hpp"
#else
#include "system/lsof_process_table.hpp"
#endif

namespace nimbra {

ProcessTable& ProcessTable::system() {
    // Linux has everything in /proc, and lsof is often not even installed there; elsewhere
    // (macOS) lsof and ps ship with the system.
#ifdef __linux__
    static ProcProcessTable table;
#else
    static LsofProcessTable table;
#endif
    return table;
}

}  // namespace nimbra
