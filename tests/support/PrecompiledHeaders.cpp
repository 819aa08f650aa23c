// Holds the precompiled GoogleTest headers that every test binary reuses; runs no test itself.
