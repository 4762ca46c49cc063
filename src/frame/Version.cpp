namespace tarvik {
const char* ComponentVersion() {
    return "1.0.0";
}
}  // namespace tarvik
