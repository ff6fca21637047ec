"""The performance page's figures and tables, drawn from bench/results.json at build time.

`./dev bench` writes that file; nothing here is copied from it by hand. Three directives:

    .. bench-about::             when, where and with what the figures were measured
    .. bench-table:: NAME        a table (checks, percentile, scaling, headlines)
    .. bench-figure:: NAME       a matplotlib figure (snapshot-scaling, percentile, recording)

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
    if ns < 1_000:
        return f"{ns:.0f} ns"
    if ns < 1_000_000:
        return f"{ns / 1e3:.3g} µs"
    return f"{ns / 1e6:.3g} ms"


# ----------------------------------------------------------------------------- tables

def checks_table(results):
    rows = [["what", "measured", "goal", "met"]]
    for script in sorted(results["benchmarks"]):
        for check in (figures(results, script) or {}).get("checks", []):
            value, unit = check["value"], check["unit"]
            measured = f"{value:.2f}x" if unit == "x" else f"{value:.3g} {unit}"
            goal = "—" if check["goal"] is None else f"≤ {check['goal']:g}{'x' if unit == 'x' else ' ' + unit}"
            met = "—" if check["goal"] is None else ("yes" if value <= check["goal"] else "no")
            rows.append([check["what"], measured, goal, met])
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
    for name in ("snapshot_resources()", "psutil memory_info()+num_fds()"):
        rows.append([name, *map(shown_ns, snapshot["ns_per_call"][name])])
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


TABLES = {"checks": checks_table, "percentile": percentile_table, "scaling": scaling_table,
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

def _axes(width=6.4, height=4.0):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    # Large type: on a phone the figure shrinks to about half its width.
    plt.rcParams.update({"font.size": 12, "axes.spines.top": False, "axes.spines.right": False,
                         "svg.hashsalt": "quillmere", "svg.fonttype": "path"})
    figure, axes = plt.subplots(figsize=(width, height), layout="constrained")
    axes.grid(True, which="major", color="#dddddd", linewidth=0.6)
    return figure, axes


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
    figure, axes = _axes()
    levels = snapshot["descriptors"]
    for name, label, style in (
            ("snapshot_resources()", "snapshot_resources()", dict(color="#1f6fb4", marker="o")),
            ("C++ floor", "the same probe as a C++ loop", dict(color="#7a7a7a", marker=".", linestyle=":")),
            ("psutil memory_info()+num_fds()", "psutil memory_info() + num_fds()",
             dict(color="#d4572a", marker="s"))):
        axes.plot(levels, [ns / 1e3 for ns in snapshot["ns_per_call"][name]], label=label, **style)
    return _log_log(figure, axes, "open descriptors")


def percentile_figure(results):
    windows = figures(results, "bench_percentile")["windows"]
    sizes = sorted({row["samples"] for row in windows})
    figure, axes = _axes()

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
    return _log_log(figure, axes, "samples in the window")


def recording_figure(results):
    timings = figures(results, "bench_calls")["ns_per_call"]
    bars = [
        ("no-op native call (floor)", "no-op call (floor)", "#7a7a7a"),
        ("IpcStats.record_latency_us(120)", "record_latency_us(120)", "#1f6fb4"),
        ("record_latency_us(us=120)", "record_latency_us(us=120)", "#1f6fb4"),
        ("SocketStats.record_send(1500, 120)", "record_send(1500, 120)", "#1f6fb4"),
        ("SocketStats.record_recv(1500, 40)", "record_recv(1500, 40)", "#1f6fb4"),
        ("pure-Python ring", "pure-Python deque + lock", "#d4572a"),
        ("prometheus Summary.observe", "prometheus Summary", "#d4572a"),
        ("prometheus Histogram.observe", "prometheus Histogram", "#d4572a"),
    ]
    figure, axes = _axes(height=3.8)
    labels = [label for _, label, _ in bars]
    values = [timings[name] for name, _, _ in bars]
    positions = range(len(bars))
    axes.barh(positions, values, color=[color for _, _, color in bars], height=0.6)
    for position, value in zip(positions, values):
        axes.text(value + max(values) * 0.015, position, f"{value:.0f} ns", va="center")
    axes.set_yticks(list(positions), labels)
    axes.invert_yaxis()
    axes.set_xlim(0, max(values) * 1.2)
    axes.set_xlabel("ns per call")
    axes.grid(False, axis="y")
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
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
