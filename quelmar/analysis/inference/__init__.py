"""Statistical inference in pure Python, importing nothing of the package:
Student's t and Fisher's F computed the same on every platform
(:mod:`.distributions`), reference-gene stability (:mod:`.stability`), tests
between groups and p-value adjustment (:mod:`.comparison`), inter-run
calibration factors (:mod:`.interrun`) and inverse prediction off a line
(:mod:`.inverse`)."""
