"""The performance page's figures and tables, drawn from bench/results.json at build time.

`./dev bench` writes that file; nothing here is copied from it by hand. Three directives
and a role:

    .. bench-about::             when, where and with what the figures were measured
    .. bench-table:: NAME        a table (checks, instructions, percentile, scaling, headlines)
    .. bench-figure:: NAME       a matplotlib figure (snapshot-scaling, percentile, recording)
    :bench:`NAME`                one figure in prose (see VALUES), for example 39.1 µs

A page that quotes a figure with the role also says, with `bench-about`, where and when it
was measured.

Figures are written as SVG into the build folder, beside the doctrees, and shown from
there, so no image is ever committed.
"""
import json
import os
import pathlib
import statistics

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.util.docutils import SphinxDirective

RESULTS = pathlib.Path(__file__).resolve().parents[2] / "bench" / "results.json"


def load():
    return json.loads(RESULTS.read_text())


def figures(results, script):
    return results["benchmarks"][script]["figures"]


def shown_ns(ns):
    """A time in the unit a reader takes in at a glance."""
    # A no-break space, so that a table cell or a line of prose never splits a value.
    if ns < 1_000:
        return f"{ns:.0f}\u00a0ns"
    if ns < 1_000_000:
        return f"{ns / 1e3:.3g}\u00a0µs"
    return f"{ns / 1e6:.3g}\u00a0ms"


# ------------------------------------------------------------------ figures in prose

def _check(results, script, start):
    """The value of the check of SCRIPT whose description starts with START."""
    return next(c["value"] for c in figures(results, script)["checks"] if c["what"].startswith(start))


def _ratio(value):
    return f"{value:.2f}x"


def _span(values):
    low, high = shown_ns(min(values)), shown_ns(max(values))
    return low if low == high else f"{low} to {high}"


def _scaling(results):
    return figures(results, "bench_scaling")


def _window_p99(results, size, pick):
    return shown_ns(pick(row["ns"]["p99"] for row in figures(results, "bench_percentile")["windows"]
                         if row["samples"] == size))


def _instructions(results):
    return figures(results, "bench_instructions")


def _versions(results):
    """The interpreter versions the instructions were counted on, oldest first."""
    return sorted(_instructions(results)["instructions_per_call"],
                  key=lambda version: tuple(map(int, version.split("."))))


def _instruction_ratios(results, group):
    """Each call of GROUP ("recording" or "reading") against its floor, on every version."""
    counts, floors = _instructions(results)["instructions_per_call"], _instructions(results)["floors"]
    return [per_call[name] / per_call[floors[name]]
            for per_call in counts.values() for name in _instructions(results)[group]]


def _floor_difference(results, newer, older):
    """How many instructions more NEWER's one-argument call path costs than OLDER's."""
    counts = _instructions(results)["instructions_per_call"]
    floor = "no-op native call (floor)"
    return f"{counts[newer][floor] - counts[older][floor]:.0f}"


VALUES = {
    # Instructions (callgrind): the recording calls against their floors, on every version.
    "recording-instructions": lambda r: " to ".join(
        dict.fromkeys(_ratio(x) for x in (min(_instruction_ratios(r, "recording")),
                                          max(_instruction_ratios(r, "recording"))))),
    "instruction-versions": lambda r: " and ".join(
        [", ".join(_versions(r)[:-1]), _versions(r)[-1]]).removeprefix(" and "),
    "call-path-315-vs-314": lambda r: _floor_difference(r, "3.15", "3.14"),
    # The recording calls against their no-op floors.
    "record-vs-floor": lambda r: _ratio(_check(r, "bench_calls", "record_latency_us(120) vs")),
    # snapshot_resources(), whatever the number of descriptors (Linux 6.2 and later).
    "snapshot": lambda r: _span(_scaling(r)["snapshot"]["ns_per_call"]["snapshot_resources()"]),
    "snapshot-levels": lambda r: " to ".join(
        f"{level:,}" for level in _scaling(r)["snapshot"]["descriptors"][::len(_scaling(r)["snapshot"]["descriptors"]) - 1]),
    # Counting by listing /proc/self/fd, what kernels before 6.2 leave: first and last level.
    "count-by-listing-first": lambda r: shown_ns(_scaling(r)["snapshot"]["ns_per_call"]["C++ listing (O(n) count)"][0]),
    "count-by-listing-last": lambda r: shown_ns(_scaling(r)["snapshot"]["ns_per_call"]["C++ listing (O(n) count)"][-1]),
    "psutil-count-last": lambda r: shown_ns(_scaling(r)["snapshot"]["ns_per_call"]["psutil memory_info()+num_fds()"][-1]),
    "listing": lambda r: shown_ns(figures(r, "bench_resources")["listing_ns"]["list_open_fds()"]),
    # The sampler at a 1 ms interval, few descriptors, and against a C++ thread at any level.
    "sampler-cpu": lambda r: shown_ns(_scaling(r)["sampler"]["cpu_ns_per_tick"]["BackgroundSampler"][0]),
    "sampler-vs-thread": lambda r: _ratio(max(
        mine / floor for mine, floor in zip(_scaling(r)["sampler"]["cpu_ns_per_tick"]["BackgroundSampler"],
                                            _scaling(r)["sampler"]["cpu_ns_per_tick"]["C++ thread (floor)"]))),
    "sampler-stop": lambda r: f"{_check(r, 'bench_sampler', 'stop()'):.3g}\u00a0ms",
    "interpreters": lambda r: _ratio(_check(r, "bench_interpreters", "recording on two")),
    "p99-1e3": lambda r: _window_p99(r, 1_000, max),
    "p99-largest": lambda r: _window_p99(r, max(row["samples"] for row in figures(r, "bench_percentile")["windows"]), max),
    "p99-largest-size": lambda r: f"{max(row['samples'] for row in figures(r, 'bench_percentile')['windows']):,}",
}


def bench_role(name, rawtext, text, lineno, inliner, options=None, content=None):
    env = inliner.document.settings.env
    env.note_dependency(str(RESULTS))
    if text not in VALUES:
        message = inliner.reporter.error(f"no figure named {text!r} in bench_results.VALUES", line=lineno)
        return [inliner.problematic(rawtext, rawtext, message)], [message]
    return [nodes.inline(rawtext, VALUES[text](load()), classes=["bench-value"])], []


# ----------------------------------------------------------------------------- tables

def checks_table(results):
    rows = [["what", "measured", "goal", "met"]]
    for script in sorted(results["benchmarks"]):
        for check in (figures(results, script) or {}).get("checks", []):
            value, unit = check["value"], check["unit"]
            measured = f"{value:.2f}x" if unit == "x" else f"{value:.3g}\u00a0{unit}"
            goal = ("—" if check["goal"] is None
                    else f"≤\u00a0{check['goal']:g}{'x' if unit == 'x' else chr(0xa0) + unit}")
            met = "—" if check["goal"] is None else ("yes" if value <= check["goal"] else "no")
            # One name for the pure-Python competitor on every page and figure.
            what = check["what"].replace("pure-Python ring", "pure-Python window + lock")
            rows.append([what, measured, goal, met])
    return rows


def percentile_table(results):
    windows = figures(results, "bench_percentile")["windows"]
    sizes = sorted({row["samples"] for row in windows})
    rows = [["samples", "p99, fastest shape", "p99, slowest shape", "numpy partition, slowest",
             "one read of the window"]]
    for size in sizes:
        at = [row["ns"] for row in windows if row["samples"] == size]
        rows.append([f"{size:,}", shown_ns(min(r["p99"] for r in at)),
                     shown_ns(max(r["p99"] for r in at)), shown_ns(max(r["numpy"] for r in at)),
                     shown_ns(statistics.median(r["read pass"] for r in at))])
    return rows


def scaling_table(results):
    scaling = figures(results, "bench_scaling")
    snapshot, sampler = scaling["snapshot"], scaling["sampler"]
    levels = snapshot["descriptors"]
    rows = [["open descriptors", *(f"{level:,}" for level in levels)]]
    for name, label in (("snapshot_resources()", "snapshot_resources(), Linux 6.2+"),
                        ("C++ listing (O(n) count)", "the count by listing, older kernels"),
                        ("psutil memory_info()+num_fds()", "psutil memory_info()+num_fds()")):
        rows.append([label, *map(shown_ns, snapshot["ns_per_call"][name])])
    for name, label in (("BackgroundSampler", "sampler CPU per tick"),
                        ("C++ thread (floor)", "a C++ thread, per tick"),
                        ("psutil thread", "a Python thread polling psutil, per tick")):
        values = sampler["cpu_ns_per_tick"][name]
        rows.append([f"{label} ({sampler['interval_ms']} ms)",
                     *map(shown_ns, values), *["—"] * (len(levels) - len(values))])
    return rows


def headlines_table(results):
    return [["script", "its closing line"], *([f"{script}.py", run["headline"].split(": ", 1)[-1]]
                                            for script, run in sorted(results["benchmarks"].items()))]


def instructions_table(results):
    """Instructions per call of each recording and read call, and the ratio to its floor,
    one column per interpreter version."""
    counts = _instructions(results)["instructions_per_call"]
    floors = _instructions(results)["floors"]
    versions = _versions(results)
    rows = [["call", "its floor", *(f"CPython {version}" for version in versions)]]
    for name in _instructions(results)["recording"] + _instructions(results)["reading"]:
        rows.append([name, floors[name].removesuffix(" (floor)"),
                     *(f"{counts[v][name]:,.0f} ({counts[v][name] / counts[v][floors[name]]:.2f}x)"
                       for v in versions)])
    rows.extend([floor.removesuffix(" (floor)"), "—", *(f"{counts[v][floor]:,.0f}" for v in versions)]
                for floor in dict.fromkeys(floors.values()))
    return rows


TABLES = {"checks": checks_table, "instructions": instructions_table, "percentile": percentile_table, "scaling": scaling_table,
          "headlines": headlines_table}


def table_node(rows):
    table = nodes.table(classes=["bench-table"])
    group = nodes.tgroup(cols=len(rows[0]))
    table += group
    group.extend(nodes.colspec(colwidth=1) for _ in rows[0])

    def row_of(cells):
        row = nodes.row()
        for cell in cells:
            entry = nodes.entry()
            entry += nodes.paragraph(text=cell)
            row += entry
        return row

    head, body = nodes.thead(), nodes.tbody()
    head += row_of(rows[0])
    body.extend(row_of(cells) for cells in rows[1:])
    group += head
    group += body
    return table


# ---------------------------------------------------------------------------- figures

# A figure 5 inches wide is 480 CSS px; furo on a 390 px phone shows it 327 px wide, so
# 13 pt type (17.3 px) still reads at 11.8 px there. Every text uses that size.
WIDTH_IN = 5.0
FONT_PT = 13


def _axes(width=WIDTH_IN, height=4.0):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    plt.rcParams.update({"font.size": FONT_PT, "axes.spines.top": False,
                         "axes.spines.right": False, "legend.fontsize": FONT_PT,
                         "xtick.labelsize": FONT_PT, "ytick.labelsize": FONT_PT,
                         "svg.hashsalt": "quillmere", "svg.fonttype": "path",
                         # An opaque white ground: furo's dark mode keeps it, so the dark
                         # text and lines stay readable there.
                         "figure.facecolor": "white", "savefig.facecolor": "white",
                         "axes.facecolor": "white"})
    figure, axes = plt.subplots(figsize=(width, height), layout="constrained")
    axes.grid(True, which="major", color="#dddddd", linewidth=0.6)
    return figure, axes


def _log_ticks(axis, low, high):
    """Labelled ticks at 1, 2 and 5 times each power of ten between LOW and HIGH, so that
    every curve has a labelled value near it."""
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator
    ticks, decade = [], 10.0 ** __import__("math").floor(__import__("math").log10(low))
    while decade <= high:
        ticks.extend(t for t in (decade, 2 * decade, 5 * decade) if low / 2 <= t <= high * 2)
        decade *= 10
    axis.set_major_locator(FixedLocator(ticks))
    axis.set_minor_locator(NullLocator())
    axis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:,.0f}" if value >= 1 else f"{value:g}"))


def _log_log(figure, axes, xlabel):
    """The cost curves' common finish: both axes logarithmic, µs per call, a legend."""
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel(xlabel)
    axes.set_ylabel("µs per call (log scale)")
    axes.legend(frameon=False)
    return figure


def snapshot_scaling_figure(results):
    snapshot = figures(results, "bench_scaling")["snapshot"]
    figure, axes = _axes(height=5.4)
    levels = snapshot["descriptors"]
    every = []
    for name, label, style in (
            ("snapshot_resources()", "snapshot_resources(), Linux 6.2+", dict(color="#1f6fb4", marker="o")),
            ("C++ floor", "the same probe as a C++ loop", dict(color="#7a7a7a", marker=".", linestyle=":")),
            ("C++ listing (O(n) count)", "the count by listing, older kernels",
             dict(color="#1f6fb4", marker="^", linestyle="--")),
            ("psutil memory_info()+num_fds()", "psutil memory_info() + num_fds()",
             dict(color="#d4572a", marker="s"))):
        values = [ns / 1e3 for ns in snapshot["ns_per_call"][name]]
        every.extend(values)
        axes.plot(levels, values, label=label, **style)
    _log_log(figure, axes, "open descriptors")
    _log_ticks(axes.yaxis, min(every), max(every))
    axes.xaxis.set_major_formatter("{x:,.0f}")
    axes.legend(frameon=False, loc="upper left", bbox_to_anchor=(-0.2, -0.14))
    return figure


def percentile_figure(results):
    windows = figures(results, "bench_percentile")["windows"]
    sizes = sorted({row["samples"] for row in windows})
    figure, axes = _axes(height=5.4)

    def per_size(candidate, pick):
        return [pick(row["ns"][candidate] for row in windows if row["samples"] == size) / 1e3
                for size in sizes]

    axes.fill_between(sizes, per_size("p99", min), per_size("p99", max), color="#1f6fb4",
                      alpha=0.18, linewidth=0, label="p99_latency_us(), range over 8 shapes")
    axes.plot(sizes, per_size("p99", statistics.median), color="#1f6fb4", marker="o",
              label="p99_latency_us(), median shape")
    axes.plot(sizes, per_size("numpy", statistics.median), color="#d4572a", marker="s",
              label="numpy.partition, median shape")
    axes.plot(sizes, per_size("read pass", statistics.median), color="#7a7a7a", marker=".",
              linestyle=":", label="one read of the window (the limit)")
    _log_log(figure, axes, "samples in the window")
    axes.legend(frameon=False, loc="upper left", bbox_to_anchor=(-0.2, -0.14))
    return figure


# Each recording call beside the no-op call that converts the same arguments the same way,
# its own floor; the alternatives beside the one-argument floor, the call they replace.
RECORDING_ROWS = [
    ("IpcStats.record_latency_us(120)", "record_latency_us(120)", "no-op native call (floor)", "module"),
    ("record_latency_us(us=120)", "record_latency_us(us=120)", "no-op keyword call (floor)", "module"),
    ("SocketStats.record_send(1500, 120)", "record_send(1500, 120)",
     "no-op two-argument call (floor)", "module"),
    ("SocketStats.record_recv(1500, 40)", "record_recv(1500, 40)",
     "no-op two-argument call (floor)", "module"),
    ("pure-Python ring", "pure-Python window + lock", "no-op native call (floor)", "other"),
    ("prometheus Summary.observe", "prometheus Summary¹", "no-op native call (floor)", "other"),
    ("prometheus Histogram.observe", "prometheus Histogram", "no-op native call (floor)", "other"),
]
COLOURS = {"floor": "#9a9a9a", "module": "#1f6fb4", "other": "#d4572a"}


def recording_figure(results):
    """Each call's bar over its own floor's, on a log axis so that the module's bars,
    close to their floors, do not vanish beside prometheus_client's."""
    from matplotlib.patches import Patch
    timings = figures(results, "bench_calls")["ns_per_call"]
    figure, axes = _axes(height=5.8)
    positions = range(len(RECORDING_ROWS))
    for position, (name, _, floor, kind) in zip(positions, RECORDING_ROWS):
        value, base = timings[name], timings[floor]
        axes.barh(position + 0.24, base, height=0.2, color=COLOURS["floor"])
        axes.barh(position + 0.02, value, height=0.2, color=COLOURS[kind])
        axes.text(value * 1.08, position + 0.02, f"{value:.0f} ns, {value / base:.2f}x",
                  va="center")
    low = min(timings[floor] for *_, floor, _ in RECORDING_ROWS) / 2
    for position, (_, label, _, _) in zip(positions, RECORDING_ROWS):
        axes.text(low * 1.05, position - 0.3, label, va="center")
    axes.set_ylim(len(RECORDING_ROWS) - 0.6, -0.6)
    axes.set_yticks([])
    axes.spines["left"].set_visible(False)
    axes.set_xscale("log")
    values = [timings[name] for name, *_ in RECORDING_ROWS]
    axes.set_xlim(low, max(values) * 6)
    from matplotlib.ticker import FixedLocator, NullLocator
    axes.xaxis.set_major_locator(FixedLocator([10, 100, 1000]))
    axes.xaxis.set_minor_locator(NullLocator())
    axes.xaxis.set_major_formatter("{x:,.0f}")
    axes.set_xlabel("ns per call (log scale)")
    axes.grid(False, axis="y")
    axes.legend(handles=[Patch(color=COLOURS["floor"], label="its floor: a no-op call, same arguments"),
                         Patch(color=COLOURS["module"], label="the module's call"),
                         Patch(color=COLOURS["other"], label="a Python alternative")],
                frameon=False, loc="upper left", bbox_to_anchor=(-0.02, -0.12), ncols=1)
    return figure


FIGURES = {"snapshot-scaling": snapshot_scaling_figure, "percentile": percentile_figure,
           "recording": recording_figure}


# ------------------------------------------------------------------------- directives

class BenchAbout(SphinxDirective):
    def run(self):
        self.env.note_dependency(str(RESULTS))
        results = load()
        machine, interpreter = results["machine"], results["interpreter"]
        build = "free-threaded" if interpreter["free_threaded"] else "with the GIL"
        text = (f"Measured on {results['date'][:10]} on {machine['cores']} cores of an "
                f"{machine['cpu']} ({machine['architecture']}, Linux {machine['kernel']}), "
                f"{interpreter['implementation']} {interpreter['version']} {build}, the module "
                f"{results['module_version']} built by {results['compiler']['name']} "
                f"({results['compiler']['build_type']}).")
        return [nodes.paragraph(text=text)]


class BenchTable(SphinxDirective):
    required_arguments = 1
    option_spec = {"caption": directives.unchanged}

    def run(self):
        self.env.note_dependency(str(RESULTS))
        table = table_node(TABLES[self.arguments[0]](load()))
        if "caption" in self.options:
            title = nodes.title(text=self.options["caption"])
            table.insert(0, title)
        return [table]


class BenchFigure(SphinxDirective):
    required_arguments = 1
    option_spec = {"alt": directives.unchanged_required, "caption": directives.unchanged}

    def run(self):
        self.env.note_dependency(str(RESULTS))
        name = self.arguments[0]
        # Beside the doctrees, in the build folder: the image collector copies it from
        # there into the HTML output like any image of the sources.
        out_dir = pathlib.Path(self.env.app.doctreedir).parent / "figures"
        out_dir.mkdir(parents=True, exist_ok=True)
        path = out_dir / f"{name}.svg"
        figure = FIGURES[name](load())
        figure.savefig(path, format="svg", metadata={"Date": None})
        import matplotlib.pyplot as plt
        plt.close(figure)
        source_dir = pathlib.Path(self.env.srcdir) / pathlib.Path(self.env.docname).parent
        image = nodes.image(uri=os.path.relpath(path, source_dir), alt=self.options["alt"])
        figure_node = nodes.figure(classes=["bench-figure"])
        figure_node += image
        if "caption" in self.options:
            figure_node += nodes.caption(text=self.options["caption"])
        return [figure_node]


def setup(app):
    app.add_directive("bench-about", BenchAbout)
    app.add_directive("bench-table", BenchTable)
    app.add_directive("bench-figure", BenchFigure)
    app.add_role("bench", bench_role)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
