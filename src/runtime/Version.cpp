namespace tarvik {
const char* RuntimeVersion() { return "1.0.0"; }
}  // namespace tarvik
