"""Writing results: tables as text, CSV and JSON, and every output renamed into
place only when a run succeeds (:mod:`.writers`); pictures (:mod:`.plots`,
matplotlib, imported only when a picture is drawn)."""
