// The layout figures of the kernel records as the shipped .sys is compiled: this file
// is compiled with the i686 mingw compiler against the DDK, to assembly only, and
// never run. Each listed type and member leaves a marker line in the assembly,
//   ->LAYOUT type T SIZE ALIGN
//   ->LAYOUT field T MEMBER OFFSET SIZE
//   ->LAYOUT tail T MEMBER OFFSET 0
// that layout.sh turns into the static asserts of layout_i386.h. The figures are
// immediate operands, so the compiler works them out; nothing is assembled.
#include <stddef.h>

#include "driver/port_extension.h"
#include "lower/pipe_handle.h"
#include "platform/kernel.h"
#include "rx/ring_buffer.h"

#define LAYOUT_MARK(text, a, b) asm volatile("\n.ascii \"->LAYOUT " text " %c0 %c1\"" ::"i"(a), "i"(b))
#define LAYOUT_TYPE(T) LAYOUT_MARK("type " #T, sizeof(T), alignof(T));
#define LAYOUT_FIELD(T, f) LAYOUT_MARK("field " #T " " #f, offsetof(T, f), sizeof(((T*)0)->f));
#define LAYOUT_TAIL(T, f) LAYOUT_MARK("tail " #T " " #f, offsetof(T, f), 0);

void LayoutProbe()
{
#include "layout_fields.h"
}

#undef LAYOUT_TYPE
#undef LAYOUT_FIELD
#undef LAYOUT_TAIL
#define LAYOUT_TYPE(T) +1
#define LAYOUT_FIELD(T, f) +1
#define LAYOUT_TAIL(T, f) +1

// How many markers there must be: the script refuses a partial extraction.
constexpr int kLayoutEntries = 0
#include "layout_fields.h"
    ;

void LayoutProbeCount() { LAYOUT_MARK("count entries", kLayoutEntries, 0); }
