from django.urls import path

from .shop import views

urlpatterns = [
    path("api/tags/", views.TagList.as_view()),
    path("api/products/", views.ProductList.as_view()),
    path("api/products/<int:pk>/", views.ProductDetail.as_view()),
    path("api/customers/", views.CustomerList.as_view()),
    path("api/customers/<int:pk>/", views.CustomerDetail.as_view()),
    path("api/orders/", views.OrderList.as_view()),
    path("api/orders/<int:pk>/", views.OrderDetail.as_view()),
]
