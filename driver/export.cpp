// The driver module: KelMain and everything behind it come from the driver's
// static libraries, linked in whole; this is the module's only own source.
