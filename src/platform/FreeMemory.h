#pragma once

namespace memory {

// Gives the heap's free pages back to the system. After a one-off job that allocated a great
// deal and freed it all (moving years of history in), the allocator would otherwise keep the
// pages for reuse, and a program that runs for weeks would hold them all that time.
void returnFreePages();

} // namespace memory
