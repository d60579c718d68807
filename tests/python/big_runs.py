"""Large real runs made from the bundled files, for the report's size checks:
the first run of the BioRad melt file (30 reactions with amplification and
melting curves) repeated onto a 384-well plate."""
import re
import zipfile

from conftest import DATA

SOURCE = DATA / "rdml" / "BioRad_qPCR_melt.rdml"


def melt_run(path, wells=210, name="run"):
    """An RDML file of one run of ``wells`` reactions on a 16 x 24 plate, each a copy of one of the
    bundled run's 30 reactions (amplification and melt), numbered row by row."""
    with zipfile.ZipFile(SOURCE) as z:
        member = z.namelist()[0]
        xml = z.read(member).decode("utf-8")
    first = xml.index("<run ")
    end = xml.index("</run>", first) + len("</run>")
    run = xml[first:end]
    reacts = re.findall(r"<react id=\"\d+\">.*?</react>", run, flags=re.S)
    head = run[:run.index("<react ")]
    head = re.sub(r"<rows>\d+</rows>", "<rows>16</rows>", head)
    head = re.sub(r"<columns>\d+</columns>", "<columns>24</columns>", head)
    head = head.replace('<run id="Amp Step 3_FAM">', f'<run id="{name}">')
    copies = [re.sub(r'^<react id="\d+">', f'<react id="{k + 1}">', reacts[k % len(reacts)]) for k in range(wells)]
    xml = xml[:first] + head + "".join(copies) + "</run>" + xml[xml.index("</experiment>"):]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(member, xml)
    return str(path)
