"""One API over the test app twice: `/drf/` on DRF's own classes, `/fast/` on
quorvel_core's serializers, renderer and parser. Used as ROOT_URLCONF by the
request tests."""

from django.urls import path
from rest_framework import generics, parsers
from rest_framework import serializers as drf_serializers
from rest_framework.renderers import JSONRenderer as DRFJSONRenderer
from rest_framework.response import Response

from quorvel_core import serializers as fast_serializers
from quorvel_core.parsers import JSONParser
from quorvel_core.renderers import JSONRenderer
from tests.project.shop.models import Author, Book, Publisher, Review, Tag

BOOKS = Book.objects.select_related("publisher").prefetch_related(
    "authors", "tags", "reviews").order_by("id")


def serializer_classes(ns):
    """The API's serializers on `ns`'s base classes."""

    class PublisherSerializer(ns.ModelSerializer):
        class Meta:
            model = Publisher
            fields = "__all__"

    class ReviewSerializer(ns.ModelSerializer):
        class Meta:
            model = Review
            fields = ["id", "body", "stars"]

    class TagSerializer(ns.ModelSerializer):
        class Meta:
            model = Tag
            fields = "__all__"

    class BookSerializer(ns.ModelSerializer):
        publisher_detail = PublisherSerializer(source="publisher", read_only=True)
        publisher_url = drf_serializers.HyperlinkedRelatedField(
            source="publisher", view_name="publisher-detail", read_only=True)
        reviews = ReviewSerializer(many=True, read_only=True)
        tag_items = TagSerializer(source="tags", many=True, read_only=True)
        author_names = drf_serializers.StringRelatedField(source="authors", many=True, read_only=True)
        summary = drf_serializers.SerializerMethodField()

        class Meta:
            model = Book
            fields = "__all__"

        def get_summary(self, book):
            return f"{book.title} ({book.pages} pages)"

        def validate_title(self, value):
            if value.lower() == "forbidden":
                raise drf_serializers.ValidationError("That title is not allowed.")
            return value

    class AuthorSerializer(ns.ModelSerializer):
        class Meta:
            model = Author
            fields = ["id", "name", "email", "birth_date"]

    class ReviewWriteSerializer(ns.Serializer):
        """A plain serializer that is neither a model nor a list."""
        body = drf_serializers.CharField(max_length=200)
        stars = drf_serializers.IntegerField(min_value=1, max_value=5)

    return {"books": BookSerializer, "authors": AuthorSerializer,
            "publishers": PublisherSerializer, "reviews": ReviewWriteSerializer}


def views(prefix, ns, renderer, parser):
    classes = serializer_classes(ns)
    options = {"renderer_classes": [renderer],
               "parser_classes": [parser, parsers.FormParser, parsers.MultiPartParser]}

    def view(base, serializer, queryset, **extra):
        attrs = dict(options, serializer_class=serializer, queryset=queryset, **extra)
        return type(f"{prefix}{base.__name__}", (base,), attrs).as_view()

    class Echo(generics.GenericAPIView):
        """Validates without saving, for the plain serializer and many=True."""

        def post(self, request):
            many = isinstance(request.data, list)
            serializer = self.get_serializer(data=request.data, many=many)
            serializer.is_valid(raise_exception=True)
            return Response(serializer.validated_data)

    book_list = view(generics.ListCreateAPIView, classes["books"], BOOKS)
    book_detail = view(generics.RetrieveUpdateDestroyAPIView, classes["books"], BOOKS)
    author_list = view(generics.ListCreateAPIView, classes["authors"], Author.objects.order_by("id"))
    author_detail = view(generics.RetrieveUpdateAPIView, classes["authors"], Author.objects.all())
    echo = view(Echo, classes["reviews"], Review.objects.none())
    return [
        path(f"{prefix}/books/", book_list),
        path(f"{prefix}/books/<int:pk>/", book_detail),
        path(f"{prefix}/authors/", author_list),
        path(f"{prefix}/authors/<int:pk>/", author_detail),
        path(f"{prefix}/reviews/", echo),
    ]


publisher_detail = generics.RetrieveAPIView.as_view(
    queryset=Publisher.objects.all(),
    serializer_class=serializer_classes(drf_serializers)["publishers"])

urlpatterns = [
    path("publishers/<int:pk>/", publisher_detail, name="publisher-detail"),
    *views("drf", drf_serializers, DRFJSONRenderer, parsers.JSONParser),
    *views("fast", fast_serializers, JSONRenderer, JSONParser),
]
