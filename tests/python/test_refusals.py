"""Results that would be silently wrong are refused or left out instead: a Ct
outside the run (the library extends a curve's end segment to the threshold),
a threshold below every curve, quantities given twice or for no well; and the
API's arguments are checked before the library sees them."""
import math

import numpy as np
import pytest
from conftest import DATA

from quelmar.analysis.amplification import analyze_amplification
from quelmar.analysis.settings import AnalysisSettings
from quelmar.analysis.standard import check_quantities
from quelmar.command.cli import main
from quelmar.common.errors import InputError, OptionError, ThresholdBelowCurves
from quelmar.results import AmplificationPlate, AmplificationWell

STEPONE = str(DATA / "rdml" / "stepone_std.rdml")


@pytest.mark.parametrize("factor", [1e-6, 1e-3, 0.05, 0.3, 1.0, 3.0, 30.0])
def test_every_ct_lies_within_the_readings_whatever_the_threshold(reps384, factor):
    """On the bundled 384-well plate, from far below its threshold to far above: a Ct within 1 to 40, or none."""
    _, curves = reps384
    auto = analyze_amplification(curves).threshold
    try:
        r = analyze_amplification(curves, threshold=auto * factor)
    except ThresholdBelowCurves as e:  # only where no curve crosses within the run
        assert factor < 1 and e.auto == auto
        return
    for ct in (r.ct_linear, r.ct_sigmoid):
        inside = ct[np.isfinite(ct)]
        assert ((inside >= 1.0) & (inside <= curves.shape[1])).all()
    if factor == 1.0:
        assert np.isfinite(r.ct_linear).sum() == 379  # as the library gives them: nothing lost


def test_a_threshold_below_where_every_curve_starts_is_refused_in_file_units(tmp_path, capsys):
    curves = np.tile(100.0 + 1e4 / (1.0 + np.exp(-0.7 * (np.arange(1.0, 41.0) - 20.0))), (3, 1))
    with pytest.raises(ThresholdBelowCurves, match="threshold 1e-300 lies below where the curves start"):
        analyze_amplification(curves, threshold=1e-300)
    assert main(["amplify", STEPONE, "--threshold", "1e-300", "-q"]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"quelmar: {STEPONE}: RNase P: --threshold 1e-300 lies below where the curves start")
    assert "the plate's own threshold is 0.08803" in err  # file units, as the option was given


@pytest.mark.parametrize("threshold, error, message", [
    (-5.0, OptionError, "threshold must be a positive number, not -5.0"),
    (0.0, OptionError, "threshold must be a positive number, not 0.0"),
    (math.nan, OptionError, "threshold must be a positive number, not nan"),
    (math.inf, OptionError, "threshold must be a positive number, not inf"),
    ("x", TypeError, "threshold must be a real number"),
])
def test_the_amplification_api_refuses_thresholds_that_are_no_positive_number(threshold, error, message):
    with pytest.raises(error, match=message):
        analyze_amplification(np.ones((2, 40)), threshold=threshold)


def _plate(*names):
    wells = [AmplificationWell(well=n, sample="", sample_type="std", target="T", run="r", threshold=1.0, scale=1.0,
                               ct_linear=20.0, ct_sigmoid=20.0, efficiency=2.0, flags=(), file_cq=math.nan,
                               quantity=math.nan, group="", excluded="", file="f.csv") for n in names]
    return AmplificationPlate(file="f.csv", run="r", target="T", label="T", scale=1.0, threshold=1.0,
                              auto_threshold=1.0, cycles=np.arange(1.0, 41.0), curves=np.zeros((len(names), 40)),
                              ct_kind="linear", wells=wells)


@pytest.mark.parametrize("quantities, problem", [
    ((("A1", 10.0), ("std", 100.0)), None),                           # std names std_1 and std-2
    ((("A1", 10.0), ("Z9", 100.0)), "quantities 'Z9' names no well of the file"),
    ((("A", 10.0),), "quantities 'A' names no well"),                  # A1 is no separator away from A
    ((("std", 10.0), ("std_1", 100.0)), "well 'std_1' has two quantities, for 'std' and 'std_1'"),
])
def test_quantities_name_wells_and_each_well_once(quantities, problem):
    plates = [_plate("A1", "A2", "std_1", "std-2")]
    if problem is None:
        check_quantities("f.csv", plates, quantities)
        return
    with pytest.raises(InputError) as caught:
        check_quantities("f.csv", plates, quantities)
    assert str(caught.value).startswith("f.csv: ") and problem in str(caught.value)


def test_a_quantity_given_twice_is_refused_by_the_settings_and_the_command(capsys):
    with pytest.raises(OptionError, match="quantities gives 'A1' two quantities"):
        AnalysisSettings(quantities=(("A1", 10.0), ("B1", 5.0), ("A1", 100.0))).check()
    assert main(["standard", STEPONE, "--quantity", "A1=10", "--quantity", "A1=100", "-q"]) == 2
    assert capsys.readouterr().err == "quelmar: --quantity gives 'A1' two quantities\n"
    assert main(["standard", STEPONE, "--quantity", "B13=10", "-q"]) == 2
    assert "--quantity 'B13' names no well of the file (wells: A1, A2" in capsys.readouterr().err


def test_a_melt_past_the_bound_is_refused_and_the_advice_given_works():
    """Readings every 0.0004 degree: refused before the smoothing (whose cost grows with their square), and put
    on the suggested grid they give the melt's own Tm, worked out from the curve: 82 degrees."""
    from quelmar.analysis.melting import MAX_MELT_READINGS, analyze_melt, even_grid
    t = np.linspace(60.0, 95.0, 4 * MAX_MELT_READINGS)
    f = 1000.0 + 20000.0 / (1.0 + np.exp((t - 82.0) / 0.6))
    with pytest.raises(ValueError, match=f"80000 readings: at most {MAX_MELT_READINGS} .*melting[.]even_grid"):
        analyze_melt(t, f)
    grid = even_grid(t, f)
    assert grid.temperature.size <= MAX_MELT_READINGS
    assert analyze_melt(grid.temperature, grid.fluorescence).tm == pytest.approx([82.0], abs=0.01)
