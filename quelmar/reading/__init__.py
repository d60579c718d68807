"""Reading plates from strangers' files, within limits: RDML (:mod:`.rdml`
over the streaming :mod:`._xml`) and CSV (:mod:`.csvplate`), what the two
share (:mod:`.readers`), the wells and plates they return (:mod:`.plate`),
what a file holds (:mod:`.kinds`) and sample sheets (:mod:`.samplesheet`)."""
