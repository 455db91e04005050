from django.db.models import Prefetch
from rest_framework import generics
from rest_framework.pagination import PageNumberPagination

from .models import Customer, LineItem, Order, Product, Tag
from .serializers import CustomerSerializer, OrderSerializer, ProductSerializer, TagSerializer


class Page(PageNumberPagination):
    page_size = 100


PRODUCTS = Product.objects.prefetch_related("tags").order_by("id")
CUSTOMERS = Customer.objects.order_by("id")
ORDERS = Order.objects.select_related("customer").prefetch_related(
    Prefetch("items", LineItem.objects.select_related("product").order_by("id"))).order_by("id")


class TagList(generics.ListCreateAPIView):
    queryset = Tag.objects.order_by("id")
    serializer_class = TagSerializer


class ProductList(generics.ListCreateAPIView):
    queryset = PRODUCTS
    serializer_class = ProductSerializer
    pagination_class = Page


class ProductDetail(generics.RetrieveUpdateDestroyAPIView):
    queryset = PRODUCTS
    serializer_class = ProductSerializer


class CustomerList(generics.ListCreateAPIView):
    """A list in the body creates them all (the usual DRF bulk-create idiom)."""

    queryset = CUSTOMERS
    serializer_class = CustomerSerializer
    pagination_class = Page

    def get_serializer(self, *args, **kwargs):
        if isinstance(kwargs.get("data"), list):
            kwargs["many"] = True
        return super().get_serializer(*args, **kwargs)


class CustomerDetail(generics.RetrieveUpdateDestroyAPIView):
    queryset = CUSTOMERS
    serializer_class = CustomerSerializer


class OrderList(generics.ListCreateAPIView):
    queryset = ORDERS
    serializer_class = OrderSerializer
    pagination_class = Page


class OrderDetail(generics.RetrieveUpdateDestroyAPIView):
    queryset = ORDERS
    serializer_class = OrderSerializer
