// KX_EXPORT marks a deliverable's exported functions. The Windows build
// takes its export table from the .def file, so the mark is empty there; the
// host build compiles deliverables with hidden visibility and exports only
// what carries the mark.
#pragma once

#if defined(_WIN32)
#define KX_EXPORT
#else
#define KX_EXPORT __attribute__((visibility("default")))
#endif
