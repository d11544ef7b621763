namespace { int unused_placeholder = 0; }
