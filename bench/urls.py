"""The list endpoint of the whole-request case, plain and accelerated."""

from django.urls import path
from rest_framework import generics, renderers

from quorvel_core import renderers as fast_renderers

from . import accel
from .serializers import ProductSerializer
from .shop.models import Product

LIST_SIZE = 100


class ProductList(generics.ListAPIView):
    serializer_class = ProductSerializer
    renderer_classes = [renderers.JSONRenderer]

    def get_queryset(self):
        return Product.objects.order_by("id")[:LIST_SIZE]


class AcceleratedProductList(ProductList):
    renderer_classes = [fast_renderers.JSONRenderer]

    def list(self, request, *args, **kwargs):
        return accel.list_response(self, self.filter_queryset(self.get_queryset()))


urlpatterns = [
    path("drf/products/", ProductList.as_view()),
    path("fast/products/", AcceleratedProductList.as_view()),
]
