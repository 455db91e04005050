"""What would run natively in a project: each DRF endpoint's serializer,
field by field (nested serializers included), from `explain`'s tables."""

from django.urls import URLPattern, URLResolver, get_resolver
from rest_framework.views import APIView

from .explain import blocks


def endpoints(patterns=None, prefix=""):
    """(route, view class, actions) for each DRF view in the URL patterns."""
    if patterns is None:
        patterns = get_resolver().url_patterns
    for pattern in patterns:
        route = prefix + str(pattern.pattern)
        if isinstance(pattern, URLResolver):
            yield from endpoints(pattern.url_patterns, route)
        elif isinstance(pattern, URLPattern):
            cls = getattr(pattern.callback, "cls", None)
            if isinstance(cls, type) and issubclass(cls, APIView):
                yield route, cls, getattr(pattern.callback, "actions", None) or {}


def serializer_class(view_class, actions):
    """The view's serializer class where it needs no request, else None."""
    if getattr(view_class, "serializer_class", None) is not None:
        return view_class.serializer_class
    view = view_class()
    view.request, view.format_kwarg, view.kwargs, view.args = None, None, {}, ()
    view.action = next(iter(actions.values()), None)
    try:
        return view.get_serializer_class()
    except Exception:  # it reads the request, or asserts: nothing to report
        return None


def field_report(serializer):
    """{"native": n, "fields": n, "python": [text, ...], "models": [text, ...]}
    for one serializer tree; "models" says how each model's instances are built."""
    native, total, python, models = 0, 0, [], {}
    for block in blocks(serializer):
        if block.model is not None:
            reason = block.model_reason
            models[block.model.__name__] = (f"{block.model.__name__}: rows built natively" if reason is None
                                            else f"{block.model.__name__}: rows built by Django ({reason})")
        for row in block.rows:
            parts = {"get": row.get, "repr": row.repr, "val": row.val}
            if block.read_in_drf:
                parts["repr"] = "python"
            if block.write_in_drf and parts["val"] != "-":
                parts["val"] = "python"
            in_python = [part for part, kind in parts.items() if kind == "python"]
            total += 1
            if in_python:
                python.append(f"{_path(block.title)}{row.field}: {', '.join(in_python)} in DRF")
            else:
                native += 1
    return {"native": native, "fields": total, "python": python, "models": list(models.values())}


def _path(title):
    # "Order.items: LineItem (many)" -> "items."; the root's fields have no prefix.
    dotted = title.split(":")[0].split(" ")[0]
    return "".join(part + "." for part in dotted.split(".")[1:])


def project_report():
    """One entry per DRF endpoint, plus the project's totals."""
    rows = []
    for route, view_class, actions in endpoints():
        entry = {"route": route, "view": view_class.__name__, "serializer": None}
        cls = serializer_class(view_class, actions)
        if cls is None:
            entry["note"] = "no serializer class without a request"
        else:
            entry["serializer"] = cls.__name__
            try:
                entry.update(field_report(cls()))
            except Exception as e:  # a serializer that cannot be built outside a request
                entry["note"] = f"cannot be built outside a request ({type(e).__name__}: {e})"
        rows.append(entry)
    counted = [r for r in rows if "fields" in r]
    total = {"endpoints": len(rows), "native": sum(r["native"] for r in counted),
             "fields": sum(r["fields"] for r in counted)}
    return {"endpoints": rows, "total": total}


def format_text(report):
    lines = []
    for r in report["endpoints"]:
        head = f"/{r['route']}  {r['view']}"
        if "fields" in r:
            lines.append(f"{head}  {r['serializer']}: {r['native']} of {r['fields']} fields native")
            lines.extend(f"    {text}" for text in r["python"])
            lines.extend(f"    {text}" for text in r.get("models", ()))
        else:
            lines.append(f"{head}: {r['note']}")
    t = report["total"]
    lines.append(f"total: {t['native']} of {t['fields']} fields native, {t['endpoints']} endpoints")
    return "\n".join(lines)
