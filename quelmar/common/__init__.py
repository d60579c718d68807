"""The base of the package, pure Python: every exception (:mod:`.errors`),
plate positions (:mod:`.positions`), what the readers may take in
(:mod:`.limits`) and the vocabulary of quality flags (:mod:`.flags`)."""
