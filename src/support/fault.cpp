#include "support/fault.h"

const char* fault_text(Fault fault)
{
    switch (fault) {
    case Fault::none: return "no fault";
    case Fault::malformed: return "malformed data";
    case Fault::truncated: return "data cut short";
    case Fault::unsupported: return "unsupported form";
    case Fault::out_of_memory: return "out of memory";
    case Fault::too_large: return "too large";
    case Fault::io_error: return "input/output error";
    }
    return "unknown fault";
}
