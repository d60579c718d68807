"""The ``quelmar`` command: its table of subcommands and the run
(:mod:`.cli`), its options and words (:mod:`.options`), and the jobs it runs
on each file (:mod:`.jobs`)."""
