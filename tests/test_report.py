"""`manage.py quorvel_report` over a small URL configuration of its own."""

import io
import json

from django.core.management import call_command
from django.test import override_settings
from django.urls import include, path
from rest_framework import generics, serializers, viewsets
from rest_framework.routers import SimpleRouter

import quorvel_core
from tests.project.shop.models import Book, Tag


class TagSerializer(serializers.ModelSerializer):
    class Meta:
        model = Tag
        fields = "__all__"


class Shelf(serializers.Serializer):
    title = serializers.CharField()
    shout = serializers.SerializerMethodField()
    tags = TagSerializer(many=True)
    anything = serializers.JSONField()

    def get_shout(self, obj):
        return obj.title.upper()


class ShelfView(generics.GenericAPIView):
    serializer_class = Shelf


class TagViewSet(viewsets.ModelViewSet):
    queryset = Tag.objects.all()

    def get_serializer_class(self):
        assert self.action in ("list", "create")
        return TagSerializer


class NeedsRequest(generics.ListAPIView):
    queryset = Book.objects.all()

    def get_serializer_class(self):
        return TagSerializer if self.request.user else None


router = SimpleRouter()
router.register("tags", TagViewSet)
urlpatterns = [
    path("shelf/", ShelfView.as_view()),
    path("api/", include(router.urls)),
    path("books/", NeedsRequest.as_view()),
]


def report(*args):
    out = io.StringIO()
    with override_settings(ROOT_URLCONF=__name__):
        call_command("quorvel_report", *args, stdout=out)
    return out.getvalue()


def test_json_report_counts_each_field_and_names_what_stays_in_drf():
    data = json.loads(report("--format", "json"))
    by_route = {e["route"]: e for e in data["endpoints"]}
    shelf = by_route["shelf/"]
    # explain() shows the same: four fields of the shelf and two of its tags,
    # one row with "python" in its get, repr or val column (the JSON field).
    rows = [line.split() for line in quorvel_core.explain(Shelf()).splitlines()
            if line.startswith("  ") and not line.startswith(("  plans", "  field", "  instances"))]
    assert len(rows) == 6 and [r[0] for r in rows if "python" in r[1:4]] == ["anything"]
    assert (shelf["native"], shelf["fields"]) == (5, 6)
    assert shelf["python"] == ["anything: val in DRF"]
    assert shelf["models"] == ["Tag: rows built natively"]
    assert by_route["api/^tags/$"]["serializer"] == "TagSerializer"
    assert by_route["books/"] == {"route": "books/", "view": "NeedsRequest", "serializer": None,
                                  "note": "no serializer class without a request"}
    counted = [e for e in data["endpoints"] if "fields" in e]
    assert data["total"] == {"endpoints": len(data["endpoints"]),
                             "native": sum(e["native"] for e in counted),
                             "fields": sum(e["fields"] for e in counted)}


def test_text_report():
    lines = report().splitlines()
    assert lines[:2] == ["/shelf/  ShelfView  Shelf: 5 of 6 fields native",
                         "    anything: val in DRF"]
    assert lines[-1].startswith("total: ") and lines[-1].endswith(" endpoints")


def on_tag_init(sender, instance, **kwargs):
    pass


def test_explain_says_why_instances_are_built_by_django():
    from django.db.models.signals import post_init

    post_init.connect(on_tag_init, sender=Tag)
    try:
        text = quorvel_core.explain(TagSerializer())
    finally:
        post_init.disconnect(on_tag_init, sender=Tag)
    assert ("  instances: Tag rows are built by Django, since post_init receiver: on_tag_init"
            in text.splitlines())
    assert "  instances: Tag rows are built natively" in quorvel_core.explain(TagSerializer())
