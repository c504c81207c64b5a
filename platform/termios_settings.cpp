// Filled in by the POSIX serial layer.
