// The job running on this thread, for the code that does not yet take it as an argument.
#include "buzz/ambient.h"

thread_local JobAmbient job_ambient;

int ambient_log_print(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const int result = log_vprint(*job_ambient.log, fmt, ap);
    va_end(ap);
    return result;
}
