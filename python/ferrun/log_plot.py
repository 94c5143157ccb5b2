"""A picture of a traffic log: the streamed telemetry over time (position with its set-point,
force, power and temperature, voltage) and a histogram of the round-trip times.

matplotlib is an optional extra (``pip install ferrun[plot]``); it is imported only when a
plot is drawn.
"""

from array import array
from collections import Counter
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, Optional, Tuple

from ferrun.log_decoder import STREAM_MODES, stream_setpoint, stream_telemetry
from ferrun.log_stats import TrafficStats, collect_stats
from ferrun.traffic_log import TX, Frame

if TYPE_CHECKING:
    from matplotlib.figure import Figure

INSTALL_HINT = "plotting needs matplotlib: pip install 'ferrun[plot]'"
_SUB_FUNCTIONS = {mode: sub for sub, (mode, _) in STREAM_MODES.items()}
_POSITION_SUB_FUNCTION = _SUB_FUNCTIONS["position"]
_FORCE_SUB_FUNCTION = _SUB_FUNCTIONS["force"]


class PlotUnavailable(RuntimeError):
    """matplotlib is not installed."""


def require_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise PlotUnavailable(INSTALL_HINT) from None


def _series() -> "array[float]":
    return array("d")


@dataclass
class Telemetry:
    """Time series in seconds since the first frame; set-points at their commands' times."""

    time_s: "array[float]" = field(default_factory=_series)
    position_um: "array[float]" = field(default_factory=_series)
    force_mN: "array[float]" = field(default_factory=_series)
    power_W: "array[float]" = field(default_factory=_series)
    temperature_C: "array[float]" = field(default_factory=_series)
    voltage_mV: "array[float]" = field(default_factory=_series)
    position_setpoint_time_s: "array[float]" = field(default_factory=_series)
    position_setpoint_um: "array[float]" = field(default_factory=_series)
    force_setpoint_time_s: "array[float]" = field(default_factory=_series)
    force_setpoint_mN: "array[float]" = field(default_factory=_series)
    origin_us: Optional[int] = None

    def record(self, frames: Iterable[Frame]) -> Iterator[Frame]:
        """Passes the frames on, keeping the telemetry and set-points they carry."""
        for frame in frames:
            if self.origin_us is None:
                self.origin_us = frame.time_us
            seconds = (frame.time_us - self.origin_us) / 1e6
            if frame.direction == TX:
                setpoint = stream_setpoint(frame.data)
                if setpoint is not None and setpoint[0] == _POSITION_SUB_FUNCTION:
                    self.position_setpoint_time_s.append(seconds)
                    self.position_setpoint_um.append(setpoint[1])
                elif setpoint is not None and setpoint[0] == _FORCE_SUB_FUNCTION:
                    self.force_setpoint_time_s.append(seconds)
                    self.force_setpoint_mN.append(setpoint[1])
            elif not frame.failure:
                values = stream_telemetry(frame.data)
                if values is not None:
                    self.time_s.append(seconds)
                    for series, value in zip((self.position_um, self.force_mN, self.power_W,
                                              self.temperature_C, self.voltage_mV), values):
                        series.append(value)
            yield frame


def read_for_plot(frames: Iterable[Frame]) -> Tuple[Telemetry, TrafficStats]:
    telemetry = Telemetry()
    stats = collect_stats(telemetry.record(frames))
    return telemetry, stats


def telemetry_of_recording(samples: Dict[str, List[int]]) -> Telemetry:
    """The time series of one actuator's recording (its fields as lists), in seconds since
    its first sample; failed exchanges carry no telemetry of their own and are left out."""
    telemetry = Telemetry()
    times = samples["time_us"]
    if times:
        telemetry.origin_us = times[0]
    for i, time_us in enumerate(times):
        seconds = (time_us - times[0]) / 1e6
        setpoint = samples["setpoint"][i]
        if samples["subfunction"][i] == _POSITION_SUB_FUNCTION:
            telemetry.position_setpoint_time_s.append(seconds)
            telemetry.position_setpoint_um.append(setpoint)
        elif samples["subfunction"][i] == _FORCE_SUB_FUNCTION:
            telemetry.force_setpoint_time_s.append(seconds)
            telemetry.force_setpoint_mN.append(setpoint)
        if not samples["failed"][i]:
            telemetry.time_s.append(seconds)
            for series, name in ((telemetry.position_um, "position_um"),
                                 (telemetry.force_mN, "force_mN"),
                                 (telemetry.power_W, "power_W"),
                                 (telemetry.temperature_C, "temperature_C"),
                                 (telemetry.voltage_mV, "voltage_mV")):
                series.append(samples[name][i])
    return telemetry


def stream_cycles_us(samples: Dict[str, List[int]]) -> Dict[int, int]:
    """How often each time between two consecutive stream exchanges occurred, in us."""
    times = samples["time_us"]
    return dict(Counter(later - earlier for earlier, later in zip(times, times[1:])))


def draw(telemetry: Telemetry, times_us: Dict[int, int], title: str = "",
         cycles: bool = False) -> "Figure":
    """The figure: four telemetry panels over a shared time axis, then a histogram of
    times_us: round trips, or with cycles the times between stream exchanges."""
    require_matplotlib()
    from matplotlib.figure import Figure

    fig = Figure(figsize=(9, 11), **_constrained_layout())
    grid = fig.add_gridspec(5, 1, height_ratios=[1.3, 1, 1, 1, 1.1])
    position = fig.add_subplot(grid[0])
    force = fig.add_subplot(grid[1], sharex=position)
    power = fig.add_subplot(grid[2], sharex=position)
    voltage = fig.add_subplot(grid[3], sharex=position)
    histogram = fig.add_subplot(grid[4])
    if title:
        fig.suptitle(title)

    t = telemetry.time_s
    position.plot(telemetry.position_setpoint_time_s, telemetry.position_setpoint_um,
                  color="0.6", linestyle="--", linewidth=1, label="set-point")
    position.plot(t, telemetry.position_um, color="C0", linewidth=1, label="position")
    position.set_ylabel("position (um)")
    force.plot(telemetry.force_setpoint_time_s, telemetry.force_setpoint_mN, color="0.6",
               linestyle="--", linewidth=1, label="set-point")
    force.plot(t, telemetry.force_mN, color="C1", linewidth=1, label="force")
    force.set_ylabel("force (mN)")
    power.plot(t, telemetry.power_W, color="C2", linewidth=1, label="power")
    power.set_ylabel("power (W)")
    temperature = power.twinx()
    temperature.plot(t, telemetry.temperature_C, color="C3", linewidth=1, label="temperature")
    temperature.set_ylabel("temperature (°C)")
    voltage.plot(t, telemetry.voltage_mV, color="C4", linewidth=1)
    voltage.set_ylabel("voltage (mV)")
    voltage.ticklabel_format(axis="y", useOffset=False)
    voltage.set_xlabel(f"time since the first {'sample' if cycles else 'frame'} (s)")
    position.legend(loc="upper right", fontsize="small")
    if len(telemetry.force_setpoint_mN):
        force.legend(loc="upper right", fontsize="small")
    power.legend(handles=power.lines + temperature.lines, loc="upper right", fontsize="small")
    for axes in (position, force, power, voltage):
        axes.grid(True, alpha=0.3)
    for axes in (position, force, power):
        axes.tick_params(labelbottom=False)

    if times_us:
        values_ms = [us / 1000 for us in times_us]
        histogram.hist(values_ms, bins=min(60, max(10, len(values_ms))),
                       weights=list(times_us.values()), color="C0")
        histogram.set_yscale("log")  # the rare slow exchanges stay visible
    if not cycles:
        answered = sum(times_us.values())
        histogram.set_title(f"round trips, tx to rx ({answered} answered)", fontsize="medium")
        histogram.set_xlabel("round-trip time (ms)")
    else:
        histogram.set_title(f"stream cycles ({sum(times_us.values())} between exchanges)",
                            fontsize="medium")
        histogram.set_xlabel("time from one stream exchange to the next (ms)")
    histogram.set_ylabel("exchanges (log scale)")
    histogram.grid(True, alpha=0.3)
    return fig


def _constrained_layout() -> Dict[str, Any]:
    import matplotlib

    major, minor = (int(part) for part in matplotlib.__version__.split(".")[:2])
    if (major, minor) >= (3, 5):
        return {"layout": "constrained"}
    return {"constrained_layout": True}


def save(fig: "Figure", path: str) -> None:
    fig.savefig(path, dpi=80)
