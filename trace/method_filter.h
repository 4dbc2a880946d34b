// Which calls a method list names, as pss-trace -m and korvo trace --method
// take it: comma-separated items, blanks around them ignored. An item names a
// method whole ("QOMA_PAT_QueryErrorInfo") or by its last '_'-separated
// part(s) ("QueryErrorInfo", "PAT_QueryErrorInfo"), never by a piece of a
// part. The tracer records every service that passes the middleware: an item
// "Service/Method" names that service's method alone (whole or by its last
// parts), so that another service's calls can be chosen too.
#ifndef PSS_TRACE_METHOD_FILTER_H
#define PSS_TRACE_METHOD_FILTER_H

namespace pss::trace {

// pcService may be null (read as empty).
bool MethodListed(const char *pcList, const char *pcService, const char *pcMethod);

}  // namespace pss::trace

#endif
