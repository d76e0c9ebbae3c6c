// What holds can0 (its sockets) and the lock that keeps a second run off it. Once the run's
// outcome is known, all of it is given back before the tool waits for its log readers: a run
// that only writes out its log must not keep the next one off the bus.
#pragma once

// Keeps descriptor until the bus is given back.
void holdUntilTheEnd(int descriptor);

// Closes every descriptor held; the tool sends and reads nothing on can0 after this.
void giveBusBack();
