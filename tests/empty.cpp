// Keeps the helper library non-empty before the first helper lands.
