#pragma once
// How the libraries report failures; nothing here is code.
//
// One convention per library: a routine that can fail returns that library's status
// (WcsStatus, DiffStatus, VetStatus, SkyStatus, ConfigStatus, ...; ProjectionStatus for
// the projections), whose text lookup gives a short reason, and leaves its outputs
// untouched on failure. Details that only the call knows (a field, a line, a card) come
// beside the status as message text. A library never prints and never ends the process:
// only the driver (search/) knows file names, standard streams and exit statuses.
//
// Out of memory. A routine whose allocations grow with its input (an image's pixels, a
// table or file line, a list read from a file, the planes of a difference) catches
// std::bad_alloc around them and returns its failure status, with "Can not malloc N" or
// the library's own text for it where a message is due, its outputs untouched; its caller
// checks and reports that like any other failure of the call. Small allocations of fixed
// size are not guarded: a process that cannot get them cannot report anything either, and
// std::terminate ends it. No library catches std::bad_alloc in order to end the process.
