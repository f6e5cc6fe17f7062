#!/usr/bin/env python3
"""make picture: draws one run of a console program, or the body of one unit
test, from the working tree as it is. It builds it in the picture build,
has GDB step it (trace.py) into build/pictures/NAME.json, lets Graphviz lay
out each step's memory, and writes build/pictures/NAME.html, one page that
opens from disk (page.html with the trace and the drawings inside).

Usage: python3 -m picture.draw NAME [INPUT]   or   ... --test Suite.Name
STEPS and SECONDS in the environment cap the run (5000 steps, 60 s).
"""
import hashlib
import html
import json
import os
import re
import signal
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from scripts import TOP, fail, programs

HERE = Path(__file__).resolve().parent
OUT = TOP / "build" / "pictures"


def target(args):
    """(name, binary target, gdb's run arguments, test) of what is drawn."""
    if args[:1] == ["--test"] and len(args) == 2:
        test = args[1]
        suite, _, case = test.partition(".")
        for source in sorted(TOP.glob("tests/*_test.cpp")):
            if re.search(rf"^(TYPED_)?TEST(_F)?\({suite.split('/')[0]}, {case}\)",
                         source.read_text(), re.M):
                return test, source.stem, f"--gtest_filter={test}", test
        fail(f"no test named {test} in tests/ (Suite.Name, as make test names it)")
    listed = {p["name"]: p for p in programs()}
    name = args[0] if args else ""
    if listed.get(name, {}).get("window"):
        fail("windowdemo draws into a window, which a picture of memory cannot "
             "follow; draw its stream buffer's tests instead, for example "
             "make picture TEST=PaneSink.HandsOverALineAtTheFlushAndNotBefore")
    if name not in listed:
        fail((f"no program named '{name}'" if name else "it needs NAME=<program> or "
              "TEST=<Suite.Name>") + "; NAME= is one of "
             + ", ".join(n for n, p in listed.items() if not p.get("window")))
    given = args[1] if len(args) > 1 and args[1] else None
    sample = listed[name]["input"]
    input_ = Path(given) if given else TOP / sample if sample else Path("/dev/null")
    if given and not input_.is_file():
        fail(f"no input file {given}")
    return name, name, f"< {quote(input_)}", None


def quote(path):
    return "'" + str(path).replace("'", "'\\''") + "'"


def trace(name, binary, run, test):
    built = subprocess.run(["cmake", "--build", "--preset", "picture", "--target",
                            binary], capture_output=True, text=True)
    if built.returncode:
        print(built.stdout + built.stderr)
        fail(f"{binary} does not build")
    program = next((TOP / "build/picture").glob(f"*/{binary}"))
    OUT.mkdir(parents=True, exist_ok=True)
    output, trace_file = OUT / f"{name}.out", OUT / f"{name}.json"
    seconds = float(os.environ.get("SECONDS") or 60)
    env = {**os.environ, "PICTURE_TOP": str(TOP), "PICTURE_NAME": name,
           "PICTURE_RUN": f"{run} > {quote(output)}", "PICTURE_OUTPUT": str(output),
           "PICTURE_JSON": str(trace_file), "PICTURE_TEST": test or "",
           "PICTURE_STEPS": os.environ.get("STEPS") or "5000",
           "PICTURE_SECONDS": str(seconds), "QT_QPA_PLATFORM": "offscreen"}
    trace_file.unlink(missing_ok=True)
    gdb = subprocess.Popen(["gdb", "-q", "-nx", "-batch", "-x", str(HERE / "trace.py"),
                            str(program)], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:  # a step that never ends is interrupted: the trace ends there
        _, errors = gdb.communicate(timeout=seconds + 2)
    except subprocess.TimeoutExpired:
        os.killpg(gdb.pid, signal.SIGINT)
        try:
            _, errors = gdb.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            fail("gdb did not stop; nothing was drawn")
    finally:  # in its own session, Ctrl-C does not reach it
        if gdb.poll() is None:
            os.killpg(gdb.pid, signal.SIGKILL)
            gdb.wait()
    if not trace_file.exists():
        fail("gdb wrote no trace: " + errors.strip()[-500:])
    return json.loads(trace_file.read_text())


def label(text):
    """Text for a Graphviz HTML label: escaped, control characters as dots."""
    return re.sub(r"[\x00-\x08\x0b-\x1f\x7f]", "·", html.escape(str(text), quote=True))


def string(text):
    return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"') + '"'


def short(text, most=34):
    return text if len(text) <= most else text[:most - 1] + "…"


def table(title, rows, color="white", border="black"):
    cells = "".join(f'<tr><td align="left">{label(name)}</td><td align="left"'
                    f'{" port=%s" % string(port) if port else ""}>{label(short(value))}</td></tr>'
                    for name, value, port in rows)
    return (f'<<table border="1" cellborder="0" cellspacing="0" bgcolor="{color}" '
            f'color="{border}"><tr><td colspan="2"><b>{label(title)}</b></td></tr>'
            f"{cells}</table>>")


def dot(step, findings):
    """The step's memory as Graphviz: the frames in a column, outermost on
    top, the heap to their right, an arrow for each pointer into a block and
    a dashed one from each reference to the object it names."""
    lines, edges, nodes, firsts = [], [], {}, []  # nodes: drawn objects by address
    alarm = {f.get("block") for f in findings}

    def rows(node, items):
        found = []
        for number, item in enumerate(items):
            port = f"p{number}" if "block" in item or "refers" in item else None
            if "block" in item:
                edges.append((node, port, f"b{item['block']}", "pointer"))
            elif port:
                edges.append((node, port, item["refers"], "reference"))
            value = "the object it names" if port and "refers" in item else item.get("value", "")
            found.append((item["name"], value, port))
        return found

    for number, frame in enumerate(step["frames"]):
        opened = len(lines)
        lines.append(f"subgraph cluster_f{number} {{ label={string(frame['function'])}; "
                     "style=rounded; color=gray60; fontsize=9;")
        plain = [item for item in frame["objects"] if "fields" not in item and "state" not in item]
        for item in frame["objects"]:
            if item not in plain:
                node = nodes[item["address"]] = f"o{number}_{len(nodes)}"
                title = f"{item['name']}: {item['type']}"
                lines.append(f'"{node}" [label={table(title, rows(node, item["fields"]))}];'
                             if "fields" in item else f'"{node}" [label={table(title, [("", item["state"], None)], "gray95", "gray60")}];')
        if plain:
            lines.append(f'"l{number}" [label={table("locals", rows(f"l{number}", plain))}];')
        if not lines[-1].startswith("subgraph"):  # the frame has a node
            firsts.append(lines[opened + 1].split('"')[1])
        lines.append("}")
    stack = firsts[0] if firsts else None
    lines.append('root [shape=point, style=invis, ordering=out];')  # the frames in order
    lines += [f'root -> "{first}" [style=invis];' for first in firsts]
    for block in step["blocks"]:
        node = nodes[block["address"]] = f"b{block['id']}"
        released = block["state"] == "released"
        title = f"block {block['id']} · {'released' if released else str(block['size']) + ' bytes'}"
        if "object" in block:
            title, body = f"{title} · {block['object']['type']}", rows(node, block["object"]["fields"])
        else:
            body = [("", block.get("text", ""), None)]
        lines.append(f'"{node}" [label={table(title, body, "gray90" if released else "lightyellow", "red" if block["id"] in alarm else "black")}];')
        if stack:  # keeps the heap to the right of the frames
            lines.append(f'"{stack}" -> "{node}" [style=invis];')
    released = {f"b{b['id']}" for b in step["blocks"] if b["state"] == "released"}
    for node, port, end, kind in edges:
        if kind == "reference" and end in nodes:
            lines.append(f'"{node}":{port}:e -> "{nodes[end]}" [style=dashed, color=blue, constraint=false];')
        elif kind == "pointer":
            dangling = ' [color=red, style=dashed, label="dangling", fontcolor=red]'
            lines.append(f'"{node}":{port}:e -> "{end}"{dangling if end in released else ""};')
    return ('digraph memory { rankdir=LR; nodesep=0.2; ranksep=0.5; '
            'node [shape=plaintext, fontname="DejaVu Sans Mono", fontsize=10]; '
            'graph [fontname="DejaVu Sans", fontsize=10]; edge [arrowsize=0.7];\n'
            + "\n".join(lines) + "\n}\n")


def lay_out(graph):
    """The graph as SVG, from an earlier run when it was drawn before: GDB runs
    a program at the same addresses each time, so most steps come again."""
    kept = OUT / "layouts" / (hashlib.sha1(graph.encode()).hexdigest() + ".svg")
    if not kept.exists():
        laid = subprocess.run(["dot", "-Tsvg"], input=graph, capture_output=True, text=True)
        if laid.returncode:
            fail("dot could not lay out a picture: " + laid.stderr[:300])
        kept.parent.mkdir(exist_ok=True)
        kept.write_text(laid.stdout[laid.stdout.index("<svg"):])
    return kept.read_text()


def page(name, trace):
    """The page: the steps with the index of their drawing, each distinct
    drawing once (laid out by dot, or kept from an earlier run), and the
    sources."""
    graphs, pictures, steps = [], {}, []
    for number, step in enumerate(trace["steps"]):
        found = [f for f in trace["findings"] if f["step"] == number]
        graph = dot(step, found)
        if graph not in pictures:
            pictures[graph] = len(graphs)
            graphs.append(graph)
        steps.append({"at": step["at"], "says": step["says"], "output": step["output"],
                      "picture": pictures[graph]})
    with ThreadPoolExecutor(os.cpu_count()) as pool:  # one dot each: dot keeps
        svgs = list(pool.map(lay_out, graphs))       # state between graphs
    data = {"name": name, "steps": steps, "pictures": svgs, "findings": trace["findings"],
            "end": trace["end"], "sources": trace["sources"]}
    text = json.dumps(data).replace("</", "<\\/")
    return (HERE / "page.html").read_text().replace("/*TRACE*/null", text).replace(
        "TITLE", label(name))


def main(args):
    name, binary, run, test = target(args)
    file = name.replace("/", "-")  # a typed test's name has a slash
    drawn = trace(file, binary, run, test)
    (OUT / f"{file}.html").write_text(page(name, drawn))
    kinds = sorted({f["kind"] for f in drawn["findings"]})
    print(f"picture: build/pictures/{file}.html ({len(drawn['steps'])} steps, "
          f"{drawn['end']}; {', '.join(kinds) or 'no findings'})")


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except KeyboardInterrupt:
        fail("interrupted; the page was not drawn again")
