"""The library: found and loaded on first use (:mod:`._lib`), and called
through :mod:`.core`, one function per export of the C interface."""
