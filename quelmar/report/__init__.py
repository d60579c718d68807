"""The run report: one self-contained HTML page for the files of one command,
with plate maps, curves, melts, standard curves, relative quantities, every
flag and every table (``quelmar report FILE... --out REPORT.html``).

The command's report job (:func:`quelmar.command.jobs.report`) analyses one
file; :mod:`.page` renders the results into the page through
:class:`.page.HtmlReport`, which writes it atomically; :mod:`.svg` draws the
pictures as SVG, one element per well, that the page's script (``report.js``)
links to the plate maps.
"""
