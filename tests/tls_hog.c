/* Takes TLS_HOG_SIZE bytes of the static TLS block when loaded. */
__attribute__((tls_model("initial-exec"))) __thread char tls_hog[TLS_HOG_SIZE];

char *tls_hog_touch(void)
{
    return tls_hog;
}
