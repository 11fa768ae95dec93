// Whether the two operands overlap.
#pragma once

// True when one operand is the other or lies inside it: one text is a
// prefix of the other, or the destination (or the nearest existing
// directory it would be made in) is the source or lies below it, or the
// source lies below an existing destination. "Below" is judged twice: by
// identity, walking up the real parents, so that links, "..", other
// spellings and other mounts of the same directory cannot hide an overlap;
// and by place inside the file system, where the system can tell it, so
// that neither can a bind mount or a drive letter given to a sub-directory
// of the other operand. In the part of a path that does not exist yet, "."
// and ".." are resolved on the text.
bool operands_overlap(const char* src, const char* dst);

// True when the versions directory `versions` (-k) cannot serve the run:
// it is the source or lies inside it, or holds the source, or is the
// destination `dst` or holds it (it may lie inside the destination, which
// never lists it). Judged as operands_overlap judges "below", where what
// does not exist yet is where it would be made.
bool versions_overlap(const char* src, const char* dst, const char* versions);
