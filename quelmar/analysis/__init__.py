"""The analyses: amplification (:mod:`.amplification`, its working units
:mod:`.units`, per-well efficiency :mod:`.efficiency`), melting
(:mod:`.melting`), standard curves (:mod:`.standard`), relative quantities
(:mod:`.quantify`) over the library's statistics (:mod:`.statistics`), the
quality flags (:mod:`.judgement`), which wells are excluded
(:mod:`.exclusion`) and the settings they all take (:mod:`.settings`)."""
