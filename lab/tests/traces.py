"""Reading a trace as the tests do: a step with its pieces in place."""


def step(trace, number):
    """Step number of the trace with its pieces in place and its output so
    far, as the tests read it."""
    shown, pieces = trace["steps"][number], trace["pieces"]
    output = trace["output"].encode("utf-16-le", "surrogatepass")[:2 * shown["out"]]
    return {**shown, "output": output.decode("utf-16-le", "replace"),
            "frames": [{**frame, "objects": [pieces[p] for p in frame["objects"]]}
                       for frame in shown["frames"]],
            "blocks": [pieces[p] for p in shown["blocks"]]}


def steps(trace):
    return (step(trace, number) for number in range(len(trace["steps"])))
