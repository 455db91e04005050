"""The endpoints of the whole-request cases: plain DRF views, which
quorvel_core.install() accelerates in place, and accelerated counterparts."""

from django.urls import path
from rest_framework import generics, parsers, renderers
from rest_framework.response import Response

from quorvel_core import renderers as fast_renderers
from quorvel_core.parsers import JSONParser as FastJSONParser

from . import accel
from .serializers import ProductNestedSerializer, ProductNestedWriteSerializer, ProductSerializer
from .shop.models import Product

LIST_SIZE = 100


class ProductList(generics.ListCreateAPIView):
    # A POST really creates a row: the case that posts undoes it (bench/cases.py).
    serializer_class = ProductSerializer
    renderer_classes = [renderers.JSONRenderer]
    parser_classes = [parsers.JSONParser]

    def get_queryset(self):
        return Product.objects.order_by("id")[:LIST_SIZE]


class ProductDetail(generics.RetrieveAPIView):
    queryset = Product.objects.select_related("vendor").prefetch_related("reviews")
    serializer_class = ProductNestedSerializer
    renderer_classes = [renderers.JSONRenderer]


class AcceleratedProductList(accel.list_view(ProductList)):
    renderer_classes = [fast_renderers.JSONRenderer]


class ProductCheck(generics.GenericAPIView):
    """Validates a posted product and answers with the validated data; nothing
    is saved, so that the database does not grow with the repeats."""

    serializer_class = ProductNestedWriteSerializer
    renderer_classes = [renderers.JSONRenderer]
    parser_classes = [parsers.JSONParser]

    def post(self, request, *args, **kwargs):
        serializer = self.get_serializer(data=request.data)
        serializer.is_valid(raise_exception=True)
        return Response(serializer.validated_data)


class AcceleratedProductCheck(ProductCheck):
    serializer_class = accel.validating(ProductNestedWriteSerializer)
    renderer_classes = [fast_renderers.JSONRenderer]
    parser_classes = [FastJSONParser]


urlpatterns = [
    path("drf/products/", ProductList.as_view()),
    path("drf/products/<int:pk>/", ProductDetail.as_view()),
    path("fast/products/", AcceleratedProductList.as_view()),
    path("drf/check/", ProductCheck.as_view()),
    path("fast/check/", AcceleratedProductCheck.as_view()),
]
