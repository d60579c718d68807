"""The base of the package, pure Python: every exception (:mod:`.errors`),
plate positions (:mod:`.positions`), what the readers may take in
(:mod:`.limits`), the vocabulary of quality flags (:mod:`.flags`) and why a well
is excluded (:mod:`.exclusion`)."""
