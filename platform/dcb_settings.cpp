// Filled in by the Win32 serial layer.
