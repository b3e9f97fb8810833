#pragma once

// The counting service's serving loop: takes connections, lets each client ask in turn, and
// passes over the kernel's table every second.

namespace qfnetd {

class Service;

// Serves on listenFd until stopFd becomes readable (a signal) or polling fails; false then.
bool serve(Service& service, int listenFd, int stopFd);

} // namespace qfnetd
